#pragma once

namespace vesh {

// The application's one reverse-DNS name: settings, logging category and the
// desktop entry all derive from it.
inline constexpr char applicationId[] = "org.veshaudio.Vesh";
inline constexpr char organizationName[] = "Vesh";
inline constexpr char applicationName[] = "Vesh";

}  // namespace vesh
