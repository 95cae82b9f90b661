int korbaltMain(int argc, char** argv);

int main(int argc, char** argv)
{
    return korbaltMain(argc, argv);
}
