// A library for the admin server's tests that is no CGI library: it has StartUp and ShutDown but no Main.
extern "C" {
int StartUp(void);
int ShutDown(void);
}

int StartUp(void)
{
    return 1;
}

int ShutDown(void)
{
    return 1;
}
