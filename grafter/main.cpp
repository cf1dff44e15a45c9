#include "grafter/grafter.h"

int main(int argc, char** argv)
{
    return grafter_main(argc, argv);
}
