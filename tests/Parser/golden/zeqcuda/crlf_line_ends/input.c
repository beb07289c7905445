void f(int *a)
{
    coload ((int*, a),
            (int, n))
    {
        a[pix()] = 1;  // lone CR stays
    }
}
