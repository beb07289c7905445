void f(float *x, int n)
{
    coload ((float*, x, n; x[0] = 1),
            (int, n, items))
    {
    }
}
