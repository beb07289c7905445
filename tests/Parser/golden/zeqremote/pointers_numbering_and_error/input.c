typedef float *floatp;
void f(float *p, floatp q, int n)
{
    coload ((float *, p), (floatp, q), (int, n))
    {
        p[0] = q[0] + n;
    }
    coload () { }
    coload ((int, n), (double*, d)) { d[0] = n; }
    coload ((int*, a)) oops { }
}
