// Md5Hex against OpenSSL's MD5 on the same inputs, in one run: prints throughput and ratios.
#include "codepage.h"
#include "md5.h"
#include "token.h"

#include <QString>
#include <chrono>
#include <cstdio>
#include <openssl/evp.h>
#include <vector>

using namespace Nolvex;
using Clock = std::chrono::steady_clock;

namespace
{

volatile unsigned sink = 0;

// Best of several rounds, each long enough to be measured, in bytes per second.
template<typename F>
double throughput(std::size_t bytes, F&& work)
{
    double best = 0;
    for (int round = 0; round < 7; ++round) {
        std::size_t iterations = 0;
        const auto start = Clock::now();
        auto now = start;
        do {
            work();
            ++iterations;
            now = Clock::now();
        } while (now - start < std::chrono::milliseconds(150));
        const double seconds = std::chrono::duration<double>(now - start).count();
        best = std::max(best, static_cast<double>(bytes * iterations) / seconds);
    }
    return best;
}

double openssl(const std::vector<unsigned char>& data)
{
    return throughput(data.size(), [&data] {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr);
        sink = sink + digest[0];
    });
}

} // namespace

int main()
{
    (void)codePageAvailable(); // the code-page table is built once, outside the timings
    std::printf("%-8s %12s %12s %12s %12s %12s %10s %10s\n", "input", "openssl MB/s", "core MB/s", "text MB/s",
        "gbk MB/s", "core/ossl", "text/ossl", "gbk/ossl");
    for (const std::size_t size : {std::size_t {64}, std::size_t {2048}, std::size_t {1} << 20}) {
        std::vector<unsigned char> bytes(size);
        for (std::size_t i = 0; i < size; ++i) {
            bytes[i] = static_cast<unsigned char>('a' + i % 26);
        }
        QString ascii(static_cast<qsizetype>(size), QLatin1Char('a'));
        for (qsizetype i = 0; i < ascii.size(); ++i) {
            ascii[i] = QLatin1Char(static_cast<char>('a' + i % 26));
        }
        // Chinese text of the same byte length: each character gives two bytes.
        const QString chinese(static_cast<qsizetype>(size / 2), QChar(u'\u4E2D'));

        const double reference = openssl(bytes);
        const double core = throughput(size, [&bytes] { sink = sink + Md5::hash(bytes.data(), bytes.size())[0]; });
        const double text
            = throughput(size, [&ascii] { sink = sink + static_cast<unsigned>(Md5Hex(ascii, 32).size()); });
        const double gbk
            = throughput(size, [&chinese] { sink = sink + static_cast<unsigned>(Md5Hex(chinese, 32).size()); });
        std::printf("%-8zu %12.1f %12.1f %12.1f %12.1f %12.2f %10.2f %10.2f\n", size, reference / 1e6, core / 1e6,
            text / 1e6, gbk / 1e6, core / reference, text / reference, gbk / reference);
    }

    QString address = QStringLiteral("https://www.example.com/search?q=");
    while (address.size() < 2048) {
        address += QStringLiteral("abcdefghij");
    }
    address.truncate(2048);
    const int calls = 20000;
    const auto start = Clock::now();
    for (int i = 0; i < calls; ++i) {
        sink = sink + static_cast<unsigned>(requestToken(address).size());
    }
    const double micros = std::chrono::duration<double, std::micro>(Clock::now() - start).count() / calls;
    std::printf("token for a 2 KiB address: %.2f us\n", micros);
    return 0;
}
