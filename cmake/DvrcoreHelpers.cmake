# Warnings that fail the build, for the project's own targets.
function(dvrcore_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()
