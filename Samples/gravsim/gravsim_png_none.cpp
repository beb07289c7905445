// The picture writer of a build without libpng: says so and writes nothing.
#include "gravsim_picture.h"

int gravsim_picture_available(void)
{
    return 0;
}

int gravsim_picture_write(const char *, const gravsim_bodies *, int, float)
{
    return gravsim_picture_unsupported;
}
