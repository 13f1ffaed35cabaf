#include "config/config.h"
namespace updater { Config::Config() {} }
