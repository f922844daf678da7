/* Runs the fuzz target over seed files and folders of them, for builds without libFuzzer: each
 * file in records of 4,096 bytes (as the MOBI writer compresses text), every record cut short at
 * a few points, and files of up to 16 KiB whole: palmdoc_fuzz_standalone PATH... */

#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

enum { RECORD = 4096, WHOLE_LIMIT = 16384 };

static int run_file(const char* path, long* inputs) {
    FILE* f = fopen(path, "rb");
    if (f == NULL) {
        fprintf(stderr, "cannot read %s\n", path);
        return 1;
    }
    size_t size = 0;
    size_t capacity = 65536;
    uint8_t* data = malloc(capacity);
    size_t got = 0;
    while (data != NULL && (got = fread(data + size, 1, capacity - size, f)) > 0) {
        size += got;
        if (size == capacity) {
            capacity *= 2;
            uint8_t* bigger = realloc(data, capacity);
            if (bigger == NULL) {
                free(data);
            }
            data = bigger;
        }
    }
    fclose(f);
    if (data == NULL) {
        fprintf(stderr, "out of memory reading %s\n", path);
        return 1;
    }
    for (size_t at = 0; at < size || at == 0; at += RECORD) {
        const size_t length = size - at < RECORD ? size - at : RECORD;
        LLVMFuzzerTestOneInput(data + at, length);
        ++*inputs;
        const size_t cuts[] = {length / 2, length - 1, 11, 10};
        for (size_t k = 0; k < sizeof cuts / sizeof cuts[0]; ++k) {
            if (cuts[k] < length) {
                LLVMFuzzerTestOneInput(data + at, cuts[k]);
                ++*inputs;
            }
        }
        if (size == 0) {
            break;
        }
    }
    if (size > RECORD && size <= WHOLE_LIMIT) {
        LLVMFuzzerTestOneInput(data, size);
        ++*inputs;
    }
    free(data);
    return 0;
}

int main(int argc, char** argv) {
    int problems = 0;
    long files = 0;
    long inputs = 0;
    for (int i = 1; i < argc; ++i) {
        struct stat st;
        if (stat(argv[i], &st) != 0) {
            fprintf(stderr, "cannot find %s\n", argv[i]);
            ++problems;
            continue;
        }
        if (!S_ISDIR(st.st_mode)) {
            problems += run_file(argv[i], &inputs);
            ++files;
            continue;
        }
        DIR* d = opendir(argv[i]);
        struct dirent* e;
        while (d != NULL && (e = readdir(d)) != NULL) {
            char path[4096];
            snprintf(path, sizeof path, "%s/%s", argv[i], e->d_name);
            if (stat(path, &st) == 0 && S_ISREG(st.st_mode)) {
                problems += run_file(path, &inputs);
                ++files;
            }
        }
        if (d != NULL) {
            closedir(d);
        }
    }
    printf("ran %ld inputs from %ld files\n", inputs, files);
    return problems == 0 && files > 0 ? 0 : 1;
}
