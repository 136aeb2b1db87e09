#pragma once

namespace zs::telemetry {

// The process-wide form of the telemetry description file.
struct DescriptionTable {};

} // namespace zs::telemetry
