/* Smallest program entry, so the version resource sits in a real executable. */
int mainCRTStartup(void)
{
    return 0;
}
