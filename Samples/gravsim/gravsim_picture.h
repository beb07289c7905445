/* gravsim_picture.h: a picture of the bodies, seen from above (x right, y up).
 *
 * Two implementations, chosen by the build: gravsim_png.cpp writes a PNG file
 * through libpng; gravsim_png_none.cpp stands in where no libpng of the
 * flavour exists (the i386 flavour here) and writes nothing.
 */
#ifndef GRAVSIM_PICTURE_H
#define GRAVSIM_PICTURE_H

struct gravsim_bodies;

enum { gravsim_picture_unsupported = -2 };

/* Nonzero when this build can write pictures. */
int gravsim_picture_available(void);

/* Writes a size x size picture of the square [-extent, extent]^2 to path.
 * 0 on success, -1 when the file cannot be written, gravsim_picture_unsupported
 * without a picture writer. */
int gravsim_picture_write(const char *path, const struct gravsim_bodies *b, int size, float extent);

#endif
