/* Loads libtarn at run time, compresses one file and unloads the library again, the way
 * a plug-in host would. Usage: tarn_unload_check <library> <source> <destination>.
 * Exit status: the compression's status, or 100 and up when loading or unloading fails. */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>

typedef int32_t (*CompressFile)(const char* source, const char* destination, const char* metadata_json);

int main(int argc, char** argv) {
  if (argc != 4) return 100;
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) {
    fprintf(stderr, "%s\n", dlerror());
    return 101;
  }
  CompressFile compress = (CompressFile)dlsym(library, "TarnCompressFile");
  if (compress == NULL) return 102;
  const int32_t status = compress(argv[2], argv[3], NULL);
  if (dlclose(library) != 0) return 103;
  return (int)status;
}
