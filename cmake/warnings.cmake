# warnings.cmake -- one set of warnings for every target of ours.
function(tarnvel_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wconversion -Wno-sign-conversion)
endfunction()
