coload ((int*, a))

  
{
    if (a) {
