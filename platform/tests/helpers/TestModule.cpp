// A small loadable module for the shared-library tests.

extern "C" {

[[gnu::visibility("default")]] int QmTestModuleAnswer();
[[gnu::visibility("default")]] const void* QmTestModuleAddress();

[[gnu::visibility("default")]] int QmTestModuleAnswer()
{
    return 42;
}

[[gnu::visibility("default")]] const void* QmTestModuleAddress()
{
    return reinterpret_cast<const void*>(&QmTestModuleAnswer);
}
}
