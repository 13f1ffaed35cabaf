#include "repo/package.h"

namespace updater {

std::string Package::label() const
{
    std::string text = name.str();
    text += '-';
    text += evr.toString();
    return text;
}

} // namespace updater
