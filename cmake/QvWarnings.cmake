# qv_warnings(target): the project's warning set, per target so that nothing leaks
# into code that includes our headers from outside.
function(qv_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(QV_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
