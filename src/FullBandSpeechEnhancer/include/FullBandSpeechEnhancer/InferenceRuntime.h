#pragma once

namespace vesh {

// Switches off the inference runtime's usage telemetry, which otherwise also
// stores a device identifier in the user's cache folder on every start. It
// changes the process environment: call it once at program start, before
// any other thread runs. An explicit choice in the environment is kept.
void disableInferenceTelemetry();

}  // namespace vesh
