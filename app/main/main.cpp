#include "app/startup.h"

int main(int argc, char **argv)
{
    return kelv::runApplication(argc, argv);
}
