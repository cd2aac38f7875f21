#pragma once

namespace vesh {

// The application's one reverse-DNS name: settings, logging category and the
// desktop entry all derive from it.
inline constexpr char applicationId[] = "org.veshaudio.Vesh";
// The logging category of the model's messages: the application id + ".model".
inline constexpr char modelLogCategory[] = "org.veshaudio.Vesh.model";
inline constexpr char organizationName[] = "Vesh";
inline constexpr char applicationName[] = "Vesh";

}  // namespace vesh
