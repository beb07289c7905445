// A construct that is a function's body, one inside a body, and one that
// holds another: each gets its own call site, the inner one inside the outer
// host body, which offers it like any other code.
void scale(float *x, float a, int n)
coload ((float*, x, n), (float, a), (int, n, items))
{
    int end = QIV_RANGE_END(n);
    for (int i = QIV_RANGE_START(n); i < end; ++i)
        x[i] *= a;
}

void twice(float *x, int n)
{
    coload ((float*, x, n), (int, n))
    {
        coload ((float*, x, n), (int, n, items))
        {
            x[pix()] += 1;
        }
    }
}
