void f(float *x, int n)
{
    coload ((float*, x, n),
            (int, n, item))
    {
    }
}
