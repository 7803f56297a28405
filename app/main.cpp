// Program entry of fwupdate.
#include "app/programentry.h"

int main(int argc, char** argv) {
    return RunFwUpdate(argc, argv);
}
