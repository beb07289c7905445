/* scale.c: the worked example */
#include <Zeq.h>

void scale(float *x, int n)
{
    int i;
    coload ((float*, x), (int, n))
    {
        for (i = QIV_RANGE_START(n); i < QIV_RANGE_END(n); i++)
            x[i] *= 2;
    }
}
