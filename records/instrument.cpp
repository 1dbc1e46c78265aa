#include "records/instrument.h"

namespace tz {

std::shared_ptr<int16_t[]> allocateSampleData(int32_t count) {
    if (count < 0) count = 0;
    std::shared_ptr<int16_t[]> data(new int16_t[sampleDataSize(count)]());
    setGuardValues(data.get(), count);
    return data;
}

void setGuardValues(int16_t* data, int32_t count) {
    int16_t last = count > 0 ? data[count - 1] : 0;
    for (int i = 0; i < kGuardValues; ++i) data[count + i] = last;
    for (int i = 0; i < kReadAheadValues; ++i) data[count + kGuardValues + i] = 0;
}

}  // namespace tz
