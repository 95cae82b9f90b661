// Placeholder until the driver lands.
int korbaltMain(int, char**)
{
    return 0;
}
