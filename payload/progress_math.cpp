#include "payload/progress_math.h"
#include "payload/progress.h"

uint64_t progressBytes = 0;
int32_t progressDivisor = 1;
int32_t progressPercent = 0;

uint64_t EntryShare(uint32_t dataSize, uint64_t decoded, uint64_t decodedSize)
{
    if (decoded >= decodedSize) {
        return dataSize;
    }
    // The product has up to 96 bits: top holds bits 32..95, low bits 0..31. Because
    // decoded < decodedSize, the quotient is below dataSize and top below decodedSize, so a
    // 32-step long division over the low bits, starting from top as the remainder, is exact.
    uint64_t lowProduct = (uint64_t)dataSize * (uint32_t)decoded;
    uint64_t top = (uint64_t)dataSize * (decoded >> 32) + (lowProduct >> 32);
    uint32_t low = (uint32_t)lowProduct;
    uint64_t remainder = top;
    uint64_t quotient = 0;
    for (int bit = 31; bit >= 0; --bit) {
        uint64_t carry = remainder >> 63;
        remainder = (remainder << 1) | ((low >> bit) & 1);
        quotient <<= 1;
        if (carry || remainder >= decodedSize) {
            remainder -= decodedSize;
            quotient |= 1;
        }
    }
    return quotient;
}

int32_t PercentOf(uint64_t bytes, int32_t divisor)
{
    if (divisor <= 0) {
        return bytes != 0 ? FullPercent : 0;
    }
    uint64_t percent = bytes / (uint32_t)divisor;
    return percent > (uint64_t)FullPercent ? FullPercent : (int32_t)percent;
}

int32_t RaiseProgressPercent()
{
    int32_t percent = PercentOf(progressBytes, progressDivisor);
    if (percent <= progressPercent) {
        return 0;
    }
    int32_t rise = percent - progressPercent;
    progressPercent = percent;
    return rise;
}
