# Fuzz targets for every path that takes outside input, beyond the codec's (CMakeLists.txt):
# the reader's 0xFF mark decoder, the simulator's frame finder, and the test windows (the
# write window's text input, every window's receive handler), and the record reader with the
# analysis on what it reads.
democomm_add_fuzzer(linemarks_fuzz SOURCES linemarks_fuzz.cpp LIBS serial CORPUS linemarks)
democomm_add_fuzzer(framer_fuzz SOURCES framer_fuzz.cpp common.h LIBS simcore CORPUS framer)
democomm_add_fuzzer(window_fuzz SOURCES window_fuzz.cpp common.h LIBS testwindows CORPUS window)
democomm_add_fuzzer(session_fuzz SOURCES session_fuzz.cpp common.h LIBS master CORPUS session)
democomm_add_fuzzer(record_fuzz SOURCES record_fuzz.cpp LIBS analysis CORPUS record)
