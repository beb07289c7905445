// The picture writer: every body adds light to the pixel it falls on, tinted
// by its speed (slow bodies warm, fast ones blue-white), and the sum is
// mapped through a logarithm so that the dense centre and the thin outskirts
// both show.  The image is built in memory and handed to libpng row by row.
#include "gravsim_picture.h"

#include "gravsim_state.h"

#include <math.h>
#include <png.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

// Light of one body: its colour, scaled by its weight relative to the mean.
void add_body(float *light, int size, float extent, const float *p, const float *v, double mean_speed)
{
    int x = (int)floorf((p[0] + extent) / (2.0f * extent) * (float)size);
    int y = (int)floorf((extent - p[1]) / (2.0f * extent) * (float)size);
    if (x < 0 || y < 0 || x >= size || y >= size)
        return;
    double speed = sqrt((double)v[0] * v[0] + (double)v[1] * v[1] + (double)v[2] * v[2]);
    double t = mean_speed > 0 ? speed / (2.0 * mean_speed) : 0.5;
    if (t > 1.0)
        t = 1.0;
    float colour[3] = {(float)(1.0 - 0.6 * t), (float)(0.55 + 0.25 * t), (float)(0.25 + 0.75 * t)};
    // A small soft spot rather than one pixel, so that sparse regions show.
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
            int u = x + dx, w = y + dy;
            if (u < 0 || w < 0 || u >= size || w >= size)
                continue;
            float share = dx == 0 && dy == 0 ? 1.0f : dx == 0 || dy == 0 ? 0.4f : 0.2f;
            float *px = light + 3 * ((size_t)w * size + u);
            for (int c = 0; c < 3; ++c)
                px[c] += share * colour[c];
        }
}

int save(const char *path, const unsigned char *rgb, int size)
{
    FILE *f = fopen(path, "wb");
    if (!f)
        return -1;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        fclose(f);
        return -1;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, (png_uint_32)size, (png_uint_32)size, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < size; ++y)
        png_write_row(png, const_cast<png_bytep>(rgb + 3 * (size_t)y * size));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return fclose(f) == 0 ? 0 : -1;
}

} // namespace

int gravsim_picture_available(void)
{
    return 1;
}

int gravsim_picture_write(const char *path, const gravsim_bodies *b, int size, float extent)
{
    size_t pixels = (size_t)size * size;
    float *light = static_cast<float *>(calloc(pixels * 3, sizeof(float)));
    unsigned char *rgb = static_cast<unsigned char *>(malloc(pixels * 3));
    if (!light || !rgb) {
        free(light);
        free(rgb);
        return -1;
    }
    double mean_speed = 0;
    for (int i = 0; i < b->n; ++i) {
        const float *v = b->vel + 4 * i;
        mean_speed += sqrt((double)v[0] * v[0] + (double)v[1] * v[1] + (double)v[2] * v[2]);
    }
    mean_speed /= b->n > 0 ? b->n : 1;
    for (int i = 0; i < b->n; ++i)
        add_body(light, size, extent, b->pos + 4 * i, b->vel + 4 * i, mean_speed);
    // A pixel that holds a few bodies is already clearly lit; the brightest
    // reach white.  The scale follows the body count so that runs of
    // different sizes look alike.
    float full = logf(1.0f + 0.004f * (float)b->n);
    for (size_t k = 0; k < pixels * 3; ++k) {
        float level = logf(1.0f + 4.0f * light[k]) / full;
        rgb[k] = (unsigned char)(level >= 1.0f ? 255 : (int)(level * 255.0f));
    }
    int result = save(path, rgb, size);
    free(light);
    free(rgb);
    return result;
}
