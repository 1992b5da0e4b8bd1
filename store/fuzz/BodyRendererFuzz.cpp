// libFuzzer target for the body renderer: the first byte picks the content type, the transfer encoding, the mode
// and the session; the rest is the body of a message file.
extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, unsigned long size);
extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }
