void f(float *pos, int n, int count)
{
    coload ( (float*, pos, n), (int, count) )
    {
        pos[pix()] += count;
    }
    coload ((float*) (int, n))
    {
        n++;
    }
    coload ((void (*)(int), callback), (char*, "a\"),(", s))
    {
        s[0] = 0;
    }
}
