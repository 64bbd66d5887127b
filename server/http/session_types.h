#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/strand.hpp>

namespace velmo::server {

// Concrete executor types throughout: a type-erased executor holding a strand is copied to the
// heap by every asynchronous operation that keeps work alive.
using SessionExecutor = boost::asio::strand<boost::asio::io_context::executor_type>;
using SessionSocket = boost::asio::basic_stream_socket<boost::asio::ip::tcp, SessionExecutor>;

} // namespace velmo::server
