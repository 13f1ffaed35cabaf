# The driver library as a whole needs the resolver; the reader needs only the logger.
set(FUZZ_SOURCES ${PROJECT_SOURCE_DIR}/src/driver/startguards.cpp)
set(FUZZ_LIBS updater_log PkgConfig::LIBXML2)
