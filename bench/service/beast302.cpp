// Answers every request with "302 Found" and one Location, keep-alive, over Boost.Beast and Asio:
// the redirect on a maintained HTTP library, to measure beside the service's own transport.
//
//   nolvex-shortd-beast302 <port> <location> [threads]      threads: one io_context each (default 1)
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace
{
class Session : public std::enable_shared_from_this<Session>
{
public:
    Session(tcp::socket socket, const std::string& location)
        : m_stream(std::move(socket))
        , m_location(location)
    {
    }
    void read()
    {
        m_request = {};
        http::async_read(
            m_stream, m_buffer, m_request, [self = shared_from_this()](beast::error_code error, std::size_t) {
                if (!error) {
                    self->answer();
                }
            });
    }

private:
    void answer()
    {
        m_response = {http::status::found, m_request.version()};
        m_response.set(http::field::location, m_location);
        m_response.keep_alive(m_request.keep_alive());
        m_response.prepare_payload();
        http::async_write(m_stream, m_response, [self = shared_from_this()](beast::error_code error, std::size_t) {
            if (!error && self->m_response.keep_alive()) {
                self->read();
            }
        });
    }

    beast::tcp_stream m_stream;
    const std::string& m_location;
    beast::flat_buffer m_buffer;
    http::request<http::string_body> m_request;
    http::response<http::empty_body> m_response;
};

void accept(tcp::acceptor& acceptor, const std::string& location)
{
    acceptor.async_accept([&acceptor, &location](beast::error_code error, tcp::socket socket) {
        if (!error) {
            socket.set_option(tcp::no_delay(true));
            std::make_shared<Session>(std::move(socket), location)->read();
        }
        accept(acceptor, location);
    });
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <port> <location> [threads]\n", argv[0]);
        return 2;
    }
    const auto port = static_cast<unsigned short>(std::atoi(argv[1]));
    const std::string location = argv[2];
    const int threads = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1;
    asio::io_context context(threads);
    tcp::acceptor acceptor(context, {asio::ip::make_address("127.0.0.1"), port});
    accept(acceptor, location);
    std::vector<std::thread> others;
    for (int i = 1; i < threads; ++i) {
        others.emplace_back([&context] { context.run(); });
    }
    context.run();
    for (std::thread& thread : others) {
        thread.join();
    }
    return 0;
}
