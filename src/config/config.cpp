#include "config/config.h"

#include <cerrno>
#include <sys/stat.h>

namespace updater {

namespace {

// The USB stick's mount point. Older systems mounted it at the legacy path;
// that one is used only when the current one does not exist at all.
std::string usbLocation()
{
    struct stat info;
    if (stat(USB_REPOSITORY_PATH, &info) == 0 || errno != ENOENT)
        return USB_REPOSITORY_PATH;
    if (stat(LEGACY_USB_REPOSITORY_PATH, &info) != 0)
        return USB_REPOSITORY_PATH;
    LOG(warn, "falling back to legacy USB update source '%s'", LEGACY_USB_REPOSITORY_PATH);
    return LEGACY_USB_REPOSITORY_PATH;
}

} // namespace

Config::Config()
{
    Repository usb;
    usb.id = "local-usb";
    usb.name = "Updates from local USB storage";
    usb.location = usbLocation();
    usb.enabled = false;
    usb.isDefault = true;
    repositories.push_back(std::move(usb));
}

} // namespace updater
