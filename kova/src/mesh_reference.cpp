#include "kova/mesh_reference.hpp"

#include <string>
#include <system_error>

namespace kova {

namespace fs = std::filesystem;

Result<fs::path> mesh_reference_path(std::string_view reference, const fs::path& urdf_dir,
                                     const PackageSearchPath& search) {
  if (reference.empty()) return fail("empty mesh file name");
  if (is_package_uri(reference)) return resolve_package_uri(reference, search);
  if (reference.starts_with(kFileScheme)) reference.remove_prefix(kFileScheme.size());
  const fs::path path(reference);
  return path.is_absolute() ? path : urdf_dir / path;
}

Result<fs::path> resolve_mesh_reference(std::string_view reference, const fs::path& urdf_dir,
                                        const PackageSearchPath& search) {
  Result<fs::path> path = mesh_reference_path(reference, urdf_dir, search);
  if (!path) return path;
  std::error_code error;
  if (!fs::is_regular_file(*path, error)) {
    return fail("mesh " + std::string(reference) + ": no file " + path->string());
  }
  return path;
}

}  // namespace kova
