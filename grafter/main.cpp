// Entry of grafter: installs the module directories of one package. It logs nothing; its only
// report is the exit status.
int main(int argc, char** /*argv*/)
{
    if (argc != 2)
        return 1;
    return 1;
}
