void a(float *x)
{
    coload ((float*, x))
    {
        x[pix()] = 1;
    }
}
char q = '"';
void b(int *y)
{
    coload ((int*, y))
    {
        y[pix()] = 2;
    }
}
char r = '"';
void c(int *z)
{
    coload ((int*, z))
    {
        z[pix()] = 3;
    }
}
