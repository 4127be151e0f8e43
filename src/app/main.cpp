#include "app/FerrowhistleApp.h"

int main(int argc, char **argv)
{
    return FerrowhistleApp::main(argc, argv);
}
