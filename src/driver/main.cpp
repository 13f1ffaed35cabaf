#include "driver/updater.h"

int main(int argc, char** argv)
{
    return updater::run(argc, argv);
}
