# Fuzz targets for every path that takes outside input, beyond the codec's (CMakeLists.txt).
democomm_add_fuzzer(linemarks_fuzz SOURCES linemarks_fuzz.cpp LIBS serial CORPUS linemarks)
democomm_add_fuzzer(framer_fuzz SOURCES framer_fuzz.cpp LIBS simcore CORPUS framer)

# Each window's receive handler, one target per window from one source.
foreach(window IN ITEMS jc:1 kg:2 write:3)
  string(REPLACE ":" ";" pair ${window})
  list(GET pair 0 prefix)
  list(GET pair 1 number)
  democomm_add_fuzzer(${prefix}_receive_fuzz SOURCES window_receive_fuzz.cpp window_fuzz_support.h
    LIBS testwindows CORPUS ${prefix}_receive)
  target_compile_definitions(${prefix}_receive_fuzz PRIVATE DEMOCOMM_FUZZ_WINDOW=${number})
endforeach()

democomm_add_fuzzer(window_input_fuzz SOURCES window_input_fuzz.cpp window_fuzz_support.h
  LIBS testwindows CORPUS window_input)
