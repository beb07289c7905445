void f(float *x, int n)
{
    float skipped;
#pragma unroll
    float tile[4];
    int count;
    coload ((float*, x), (int, n))
    {
        tile[0] = x[pix()];
        count = n;
    }
    {
        int inner;
    }
    int after_inner;
    coload ()
    {
        qiv_sync();
    }
}
