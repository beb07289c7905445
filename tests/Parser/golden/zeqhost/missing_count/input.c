void f(float *x, int n)
{
    coload ((int, n, items),
            (float*, x))
    {
    }
}
