#include "net/platform.h"

#include <asio/ip/host_name.hpp>

#include <chrono>
#include <random>

namespace lsl::net {

double local_clock() {
	const auto now = std::chrono::steady_clock::now().time_since_epoch();
	const auto secs = std::chrono::duration_cast<std::chrono::seconds>(now);
	const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(now - secs);
	return static_cast<double>(secs.count()) + static_cast<double>(nanos.count()) / 1e9;
}

std::string host_name() {
	asio::error_code ec;
	auto name = asio::ip::host_name(ec);
	return ec ? std::string("localhost") : name;
}

std::array<uint8_t, 16> random_bytes16() {
	std::random_device device;
	std::array<uint8_t, 16> bytes{};
	for (std::size_t i = 0; i < bytes.size(); i += 4) {
		auto word = device();
		for (std::size_t j = 0; j < 4; ++j) bytes[i + j] = static_cast<uint8_t>(word >> (8 * j));
	}
	return bytes;
}

} // namespace lsl::net
