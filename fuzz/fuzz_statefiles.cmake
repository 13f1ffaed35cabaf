# The driver library as a whole needs the resolver; the readers need only the logger.
set(FUZZ_SOURCES ${PROJECT_SOURCE_DIR}/src/driver/status.cpp)
set(FUZZ_LIBS updater_log PkgConfig::LIBXML2)
