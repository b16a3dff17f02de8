// The JSON messages of the live loop, read and written in C++: kova_rs.live.messages calls these
// for every frame and command, where Python's json module and float formatting cost tens of
// microseconds. Each thread keeps its own buffers.
#include <span>
#include <string>
#include <string_view>

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

#include "core_arrays.hpp"
#include "core_modules.hpp"
#include "kova/live_json.hpp"

namespace kova_core {
namespace {

using namespace nb::literals;

nb::object read_frame_json(const nb::bytes& data) {
  thread_local kova::LiveJsonReader reader;
  auto message = reader.read(std::string_view(static_cast<const char*>(data.data()), data.size()));
  if (!message) throw nb::value_error(message.error().c_str());
  if (message->request) return nb::none();
  nb::object values = nb::none();
  if (message->has_values) {
    const std::size_t width = message->poses ? 16 : 3;
    NumpyArray array = new_array({message->joints, width});
    const std::span<const double> read = reader.values();
    std::copy(read.begin(), read.end(), array.data());
    values = nb::cast(std::move(array));
  }
  return nb::make_tuple(message->seq, message->t, values);
}

nb::bytes command_json_head(std::uint64_t seq, double t, double t_recv, double t_solve,
                            const InArray& qpos, double error, std::string_view status) {
  if (qpos.ndim() != 1) throw nb::value_error("qpos must be one joint vector");
  thread_local std::string text;
  kova::write_command_json_head({seq, t, t_recv, t_solve, values(qpos), error, status}, text);
  return nb::bytes(text.data(), text.size());
}

}  // namespace

void bind_live(nb::module_& module) {
  module.def("read_frame_json", &read_frame_json, "data"_a,
             nb::sig("def read_frame_json(data: bytes) -> tuple[int, float, "
                     "numpy.typing.NDArray[numpy.float64] | None] | None"),
             "One JSON message of a tracker: (seq, t, values) for a frame, values (joints, 3) or "
             "(joints, 16) float64 or None without a hand; None for the joint names request. "
             "ValueError says why a message is neither.");
  module.def("command_json_head", &command_json_head, "seq"_a, "t"_a, "t_recv"_a, "t_solve"_a,
             "qpos"_a, "error"_a, "status"_a,
             "A JSON command up to its status, without the closing brace (numbers as Python's "
             "json module writes them, a NaN error as null).");
}

}  // namespace kova_core
