# One interface target carries the warning and sanitizer flags; every target links it.
add_library(drone_warnings INTERFACE)
add_library(drone::warnings ALIAS drone_warnings)
target_compile_options(drone_warnings INTERFACE -Wall -Wextra)
if(DRONE_WERROR)
  target_compile_options(drone_warnings INTERFACE -Werror)
endif()
if(DRONE_SANITIZE)
  target_compile_options(drone_warnings INTERFACE
    -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(drone_warnings INTERFACE -fsanitize=address,undefined)
endif()
if(DRONE_FUZZ)
  # Coverage for libFuzzer in every library; the fuzz programs themselves link -fsanitize=fuzzer.
  target_compile_options(drone_warnings INTERFACE
    -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
    -fno-sanitize-recover=undefined)
  target_link_options(drone_warnings INTERFACE -fsanitize=address,undefined)
endif()
