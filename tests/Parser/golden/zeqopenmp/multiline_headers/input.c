serial(&k)
{
  parallel(a,
 b) {
  break
 ;
 }
}
parallel 
 
(n)
{
 break;
}
