typedef float *floatp;
void f(float *x, float *y, int n, floatp z, char **names)
{
    float tile[4];
    int count;
    coload ((float*, x), (float *, y), (int, n), (floatp, z), (const char* const*, names), (int, "*"))
    {
        tile[pix() % 4] = x[pix()];
    }
    coload () { qiv_sync(); }
}
