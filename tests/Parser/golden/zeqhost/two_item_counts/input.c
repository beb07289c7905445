void f(float *x, int n, int m)
{
    coload ((float*, x, n),
            (int, n, items),
            (int, m, items))
    {
    }
}
