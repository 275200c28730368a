/* A C program using the installed libtarn through pkg-config: compresses and restores one
 * file and reports the calibrations of the installation's folder. */
#include <stdio.h>

#include <tarn/tarn.h>

static int Check(const char* what, TarnStatus status) {
  if (status == kTarnStatusOk) return 1;
  fprintf(stderr, "%s: %s\n", what, TarnStatusDescription(status));
  return 0;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s SOURCE COMPRESSED RESTORED\n", argv[0]);
    return 2;
  }
  TarnSetLogLevel(4);
  printf("libtarn %s, calibrations: %d\n", TarnVersion(), TarnCalibrationRegistryDefaultInitialize());
  if (!Check("compress", TarnCompressFile(argv[1], argv[2], NULL))) return 1;
  if (!Check("decompress", TarnDecompressFile(argv[2], argv[3], NULL))) return 1;
  printf("compressed and restored %s\n", argv[1]);
  return 0;
}
