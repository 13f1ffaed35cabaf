# The driver library as a whole needs the resolver; the readers need only the
# status writer beside them.
set(FUZZ_SOURCES ${PROJECT_SOURCE_DIR}/src/driver/status.cpp ${PROJECT_SOURCE_DIR}/src/driver/statusrecord.cpp)
set(FUZZ_LIBS updater_download updater_log PkgConfig::LIBXML2)
