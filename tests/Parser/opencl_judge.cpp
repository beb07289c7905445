// opencl_judge.cpp: builds an OpenCL source for the first device found and
// lists its kernels, so that zeqopencl output is judged by a real compiler.
//
// Usage: opencl_judge file.ocl name...   Exit 0 when the build succeeds and
// every named kernel is in the program, 1 otherwise (the build log goes to
// standard error), 77 when this machine has no OpenCL platform or device.
#define CL_TARGET_OPENCL_VERSION 120
#include <CL/cl.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static char *read_all(const char *path)
{
    FILE *f = fopen(path, "rb");
    if (!f)
        return NULL;
    fseek(f, 0, SEEK_END);
    long size = ftell(f);
    fseek(f, 0, SEEK_SET);
    char *text = (char *)calloc((size_t)size + 1, 1);
    if (text && fread(text, 1, (size_t)size, f) != (size_t)size) {
        free(text);
        text = NULL;
    }
    fclose(f);
    return text;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: opencl_judge file.ocl kernel...\n");
        return 1;
    }
    cl_platform_id platform;
    cl_uint platforms = 0;
    cl_device_id device;
    cl_uint devices = 0;
    if (clGetPlatformIDs(1, &platform, &platforms) != CL_SUCCESS || platforms == 0 ||
        clGetDeviceIDs(platform, CL_DEVICE_TYPE_ALL, 1, &device, &devices) != CL_SUCCESS ||
        devices == 0) {
        printf("no OpenCL platform or device on this machine\n");
        return 77;
    }
    char *source = read_all(argv[1]);
    if (!source) {
        fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    cl_int error = CL_SUCCESS;
    cl_context context = clCreateContext(NULL, 1, &device, NULL, NULL, &error);
    const char *sources[] = {source};
    cl_program program = clCreateProgramWithSource(context, 1, sources, NULL, &error);
    int status = 0;
    if (clBuildProgram(program, 1, &device, "", NULL, NULL) != CL_SUCCESS) {
        size_t size = 0;
        clGetProgramBuildInfo(program, device, CL_PROGRAM_BUILD_LOG, 0, NULL, &size);
        char *log = (char *)calloc(size + 1, 1);
        clGetProgramBuildInfo(program, device, CL_PROGRAM_BUILD_LOG, size, log, NULL);
        fprintf(stderr, "build failed:\n%s\n", log);
        free(log);
        status = 1;
    }
    for (int i = 2; status == 0 && i < argc; ++i) {
        cl_kernel kernel = clCreateKernel(program, argv[i], &error);
        if (!kernel) {
            fprintf(stderr, "kernel %s missing (%d)\n", argv[i], (int)error);
            status = 1;
        } else {
            printf("kernel %s built\n", argv[i]);
            clReleaseKernel(kernel);
        }
    }
    clReleaseProgram(program);
    clReleaseContext(context);
    free(source);
    return status;
}
