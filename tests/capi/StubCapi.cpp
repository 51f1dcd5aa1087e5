// A stand-in for libcapi20 with every entry point but the one left out at
// build time (ZL_STUB_WITHOUT_PROFILE, ZL_STUB_WITHOUT_INSTALLED).
#include <cstring>

struct timeval;

extern "C" {

unsigned capi20_register(unsigned, unsigned, unsigned, unsigned* applId)
{
    *applId = 3;
    return 0;
}
unsigned capi20_release(unsigned) { return 0; }
unsigned capi20_put_message(unsigned, unsigned char*) { return 0; }
unsigned capi20_get_message(unsigned, unsigned char** buffer)
{
    *buffer = nullptr;
    return 0x1104;
}
unsigned capi20_waitformessage(unsigned, struct timeval*) { return 0x1104; }
unsigned char* capi20_get_manufacturer(unsigned, unsigned char* buffer)
{
    std::strcpy(reinterpret_cast<char*>(buffer), "Stub CAPI");
    return buffer;
}
unsigned char* capi20_get_version(unsigned, unsigned char* buffer)
{
    const unsigned version[4] = {2, 0, 1, 0};
    std::memcpy(buffer, version, sizeof version);
    return buffer;
}
unsigned char* capi20_get_serial_number(unsigned, unsigned char* buffer)
{
    std::strcpy(reinterpret_cast<char*>(buffer), "0000042");
    return buffer;
}
#ifndef ZL_STUB_WITHOUT_PROFILE
unsigned capi20_get_profile(unsigned, unsigned char* buffer)
{
    std::memset(buffer, 0, 64);
    buffer[0] = 1; // controllers
    buffer[2] = 2; // B channels
    return 0;
}
#endif
#ifndef ZL_STUB_WITHOUT_INSTALLED
unsigned capi20_isinstalled() { return 0; }
#endif

} // extern "C"
