# zstd and utf8proc from Debian's source packages (scripts/setup.sh unpacks
# them), for both builds. The launcher gets the decoder only; the packers and
# test programs that must write frames get the whole library, with its
# worker threads for --threads (Debian's own static libzstd has none).
set(zstd_lib "${VESKAR_THIRD_PARTY_DIR}/zstd/lib")
if(NOT EXISTS "${zstd_lib}/zstd.h")
  message(FATAL_ERROR "zstd sources not found in ${zstd_lib}: run scripts/setup.sh")
endif()
file(GLOB zstd_common_sources "${zstd_lib}/common/*.c")
file(GLOB zstd_decompress_sources "${zstd_lib}/decompress/*.c")
file(GLOB zstd_compress_sources "${zstd_lib}/compress/*.c")

if(WIN32)
  add_library(zstd_decompress STATIC ${zstd_common_sources} ${zstd_decompress_sources})
  target_include_directories(zstd_decompress SYSTEM PUBLIC "${zstd_lib}")
  # The amd64 Huffman assembly is written for ELF targets only.
  target_compile_definitions(zstd_decompress PRIVATE ZSTD_DISABLE_ASM ZSTD_MULTITHREAD=0 ZSTD_LEGACY_SUPPORT=0)
  target_compile_options(zstd_decompress PRIVATE -O3)
endif()

add_library(zstd_full STATIC EXCLUDE_FROM_ALL ${zstd_common_sources} ${zstd_decompress_sources} ${zstd_compress_sources})
target_include_directories(zstd_full SYSTEM PUBLIC "${zstd_lib}")
target_compile_definitions(zstd_full PRIVATE ZSTD_DISABLE_ASM ZSTD_LEGACY_SUPPORT=0 ZSTD_MULTITHREAD=1)
target_compile_options(zstd_full PRIVATE -O3)

# utf8proc for the packers' Unicode case mapping.
set(utf8proc_dir "${VESKAR_THIRD_PARTY_DIR}/utf8proc")
if(NOT EXISTS "${utf8proc_dir}/utf8proc.h")
  message(FATAL_ERROR "utf8proc sources not found in ${utf8proc_dir}: run scripts/setup.sh")
endif()
add_library(utf8proc_static STATIC EXCLUDE_FROM_ALL "${utf8proc_dir}/utf8proc.c")
target_include_directories(utf8proc_static SYSTEM PUBLIC "${utf8proc_dir}")
target_compile_definitions(utf8proc_static PUBLIC UTF8PROC_STATIC)
target_compile_options(utf8proc_static PRIVATE -O2)
