/* Every annotation of an argument group: the direction of each array, its
   element count, the work-item count and the group size of a body with
   group memory, whose size comes from the declaration before the construct. */
void blend(const float *src, float *dst, float *acc, float *mix, float *both, float w, int n)
{
    float tile[256];
    coload ((const float*, src, 4 * n),
            (float*, dst, out n),
            (float*, acc, in n / 2),
            (float*, mix, n),
            (float*, both, inout n),
            (float, w),
            (int, n, items, group 64))
    {
        int end = QIV_RANGE_END(n);
        for (int i = QIV_RANGE_START(n); i < end; ++i)
            dst[i] = w * src[4 * i] + tile[0] + acc[i / 2] + mix[i] + both[i];
    }
}
