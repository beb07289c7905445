#include <stdio.h>

void f(float *a,
       int n)
{
    coload (
        (float*, a),

        (int,
         n)

    )
    {
        a[pix()] = n;
    }
}
