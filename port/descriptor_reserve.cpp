#include "port/descriptor_reserve.h"

#include <fcntl.h>
#include <unistd.h>

bool DescriptorReserve::take()
{
    if (descriptor_ < 0)
        descriptor_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    return descriptor_ >= 0;
}

void DescriptorReserve::release()
{
    if (descriptor_ >= 0) {
        ::close(descriptor_);
        descriptor_ = -1;
    }
}
