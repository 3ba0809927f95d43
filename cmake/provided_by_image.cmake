# What every Lambda image and every Linux system has: the C library family
# and the GCC run-time. Never bundled.
set(PROVIDED_BY_IMAGE
  "^ld-linux" "^linux-vdso" "^libc\\.so" "^libm\\.so" "^libdl\\.so" "^libpthread\\.so"
  "^librt\\.so" "^libresolv\\.so" "^libutil\\.so" "^libstdc\\+\\+\\.so" "^libgcc_s\\.so"
  "^libasan\\.so" "^libubsan\\.so" "^libtsan\\.so")
