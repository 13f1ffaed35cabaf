set(FUZZ_LIBS updater_pgp)
