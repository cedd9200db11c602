// libQelWrapperGpu.so without its factory.

extern "C" __attribute__((visibility("default"))) int NotTheFactory()
{
    return 0;
}
