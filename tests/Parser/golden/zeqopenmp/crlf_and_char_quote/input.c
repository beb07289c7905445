parallel(2)
{
    c = '"';
    break;
}
serial(&k) { d = '"'; }
serial(&k)	{ }
