# Writes GeneratedAssetSymbols.h from the names of the bundle's images: one ImageResource per image, named in
# lowerCamelCase after it ("oi_success" becomes oiSuccess). Run with -DRESOURCE_DIR=... -DOUTPUT=...
file(GLOB images RELATIVE "${RESOURCE_DIR}" "${RESOURCE_DIR}/*.png")
list(SORT images)
set(symbols "")
set(accessors "")
foreach(file IN LISTS images)
  string(REGEX REPLACE "\\.png$" "" name "${file}")
  string(REPLACE "_" ";" parts "${name}")
  set(symbol "")
  foreach(part IN LISTS parts)
    if(symbol STREQUAL "")
      set(symbol "${part}")
    else()
      string(SUBSTRING "${part}" 0 1 first)
      string(TOUPPER "${first}" first)
      string(SUBSTRING "${part}" 1 -1 rest)
      set(symbol "${symbol}${first}${rest}")
    endif()
  endforeach()
  string(APPEND symbols "inline constexpr ImageResource ${symbol}{\"${name}\", resourceBundle};\n")
  string(APPEND accessors "inline std::optional<Image> ${symbol}Image(Platform& platform) { return image(platform, ${symbol}); }\n")
endforeach()
set(text "// Generated at build time from the images of VantorixFinderSync/resources; do not edit.
#pragma once

#include \"platform/Platform.h\"

#include <optional>
#include <string_view>

namespace vantorix::assets {

// Marks the bundle that holds the extension's code and resources.
struct ResourceBundleClass {};
inline constexpr std::string_view resourceBundle = \"com.vantorix.pc-client.VantorixFinderSync\";

struct ImageResource {
    std::string_view name;
    std::string_view bundle;
};

struct ColorResource {
    std::string_view name;
    std::string_view bundle;
};

inline std::optional<Image> image(Platform& platform, const ImageResource& resource) { return platform.imageNamed(std::string(resource.name)); }

${symbols}
${accessors}
}  // namespace vantorix::assets
")
file(WRITE "${OUTPUT}.tmp" "${text}")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different "${OUTPUT}.tmp" "${OUTPUT}")
file(REMOVE "${OUTPUT}.tmp")
