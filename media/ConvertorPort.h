#pragma once
// The converter listener's port: 7535 at first, raised by one for each failed listen at
// start-up, then put into every converter command line. Set on the start-up thread before
// any convertor opens; read from any thread afterwards.
#include <cstdint>

uint32_t GetConvertorListenPort();
void SetConvertorListenPort(uint32_t port);
