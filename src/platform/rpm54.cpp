#include "platform/rpm54.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <rpm/rpmlib.h>
#include <rpm/rpmmacro.h>
#include <string>

namespace updater {

namespace {

std::map<int, int>& registrations()
{
    static std::map<int, int> counts;
    return counts;
}

std::string expandMacro(const char* macro)
{
    char* expanded = rpmExpand(macro, nullptr);
    std::string text = expanded ? expanded : "";
    free(expanded);
    return text;
}

pgpDig& transactionDig()
{
    static pgpDig dig = nullptr;
    return dig;
}

} // namespace

int rpmsqEnable(int signum, rpmsqAction_t)
{
    auto& counts = registrations();
    if (signum >= 0)
        return ++counts[signum];
    auto it = counts.find(-signum);
    if (it == counts.end())
        return -1;
    int left = --it->second;
    if (left == 0)
        counts.erase(it);
    return left;
}

int rpmPlatformScore(const char* platform, void*, int)
{
    if (!platform)
        return 0;
    const char* dash = strchr(platform, '-');
    std::string arch = dash ? std::string(platform, dash) : std::string(platform);
    if (arch.empty())
        return 0;
    // vendor and os follow the arch; the os must be rpm's own.
    if (dash) {
        const char* osStart = strchr(dash + 1, '-');
        if (osStart) {
            std::string os(osStart + 1);
            size_t gnu = os.find('-');
            if (gnu != std::string::npos)
                os.resize(gnu);
            if (!os.empty() && rpmMachineScore(RPM_MACHTABLE_INSTOS, os.c_str()) == 0)
                return 0;
        }
    }
    return rpmMachineScore(RPM_MACHTABLE_INSTARCH, arch.c_str());
}

bool rpmDbIsBerkeley()
{
    return expandMacro("%{_dbapi}") == "3" || expandMacro("%{_db_backend}") == "bdb";
}

pgpDig rpmtsDig(rpmts)
{
    pgpDig& dig = transactionDig();
    if (!dig)
        dig = pgpNewDig();
    return dig;
}

void rpmtsCleanDig(rpmts)
{
    pgpDig& dig = transactionDig();
    dig = pgpFreeDig(dig);
}

} // namespace updater
