# The one version of the node: the project's version, with the commit from
# `git describe` appended when the source is a git checkout, e.g.
# 0.2.0+git.44d420c (".dirty" when the tree has uncommitted changes). The
# program prints it for --version and the Debian package carries it as its
# upstream version. Worked out at configure time.
set(PIM_NODE_VERSION "${PROJECT_VERSION}")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS "${PROJECT_SOURCE_DIR}/.git")
  execute_process(
    COMMAND "${GIT_EXECUTABLE}" describe --always --dirty=.dirty
    WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
    OUTPUT_VARIABLE pim_git_describe
    OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET
    RESULT_VARIABLE pim_git_result)
  if(pim_git_result EQUAL 0 AND pim_git_describe)
    # Only characters that a Debian upstream version allows.
    string(REGEX REPLACE "[^A-Za-z0-9.+~]" "." pim_git_describe
           "${pim_git_describe}")
    set(PIM_NODE_VERSION "${PROJECT_VERSION}+git.${pim_git_describe}")
  endif()
endif()
configure_file("${PROJECT_SOURCE_DIR}/src/version.h.in"
               "${PROJECT_BINARY_DIR}/generated/version.h" @ONLY)
