# sanitizers.cmake -- AddressSanitizer and UndefinedBehaviorSanitizer for host builds.
option(TARNVEL_SANITIZE "build host code with ASan and UBSan" OFF)
if(TARNVEL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
