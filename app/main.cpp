#include "app/appentry.h"

int main(int argc, char *argv[])
{
    return AppEntry::run(argc, argv);
}
