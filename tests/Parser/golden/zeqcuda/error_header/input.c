void f(int *a)
{
    coload ((int*, a))
    {
        a[pix()] = 0;
    }
    coload ((int*, a), (int, n)
    {
    }
