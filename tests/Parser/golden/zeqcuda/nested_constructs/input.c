void outer(int *a, int n)
{
    coload ((int*, a), (int, n))
    {
        int depth = 1;
        coload ((int*, a))
        {
            a[pix()] = depth;
        }
    }
}
