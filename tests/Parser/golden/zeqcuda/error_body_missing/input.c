void f(int *a)
{
    coload ((int*, a)) int x;
    {
    }
}
