/* scale.c: one pointer and one value argument; the header closes on line 7 */
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
