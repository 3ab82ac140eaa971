# Builds the image store with NIMBREL_IMAGE_DIR naming a folder of small test
# images and checks what gets embedded, what is generated, what stays absent,
# and that a changed file is picked up by the next build.
#
#   cmake -DSOURCE_DIR=<project> -DWORK_DIR=<fresh folder> -DGENERATOR=<generator>
#         [-DMAKE_PROGRAM=..] [-DC_COMPILER=..] [-DCXX_COMPILER=..] -P EmbedImageDir.cmake

foreach(var SOURCE_DIR WORK_DIR GENERATOR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE "${WORK_DIR}")
# A space in the folder name, so that the path reaches the assembler quoted.
set(image_dir "${WORK_DIR}/maker images")
set(build_dir "${WORK_DIR}/build")
file(MAKE_DIRECTORY "${image_dir}")

# Small files with bytes of every kind but NUL, which a CMake string cannot hold.
string(ASCII 255 255 106 1 128 200 binary)
file(WRITE "${image_dir}/BOOTLOADERDATA" "boot${binary}loader")
file(WRITE "${image_dir}/TXGUIRESDATA" "")
string(REPEAT "solution${binary}" 700 solution)
file(WRITE "${image_dir}/SOLUTIONDATA" "${solution}")
file(WRITE "${image_dir}/FPGARBFDATA1" "${binary}fpga 1")
file(WRITE "${image_dir}/FPGARBFDATA2" "${binary}fpga 2")
file(WRITE "${image_dir}/FPGARBFDATA3" "${binary}fpga 3")
file(WRITE "${image_dir}/SOLUTIONDATAMED" "med solution")
file(WRITE "${image_dir}/QUDEFAULTSYSTEMSETTING" "maker's own record${binary}")

set(configure_args -S "${SOURCE_DIR}" -B "${build_dir}" -G "${GENERATOR}"
  "-DNIMBREL_IMAGE_DIR=${image_dir}" -DNIMBREL_BUILD_QT=OFF -DNIMBREL_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug)
if(MAKE_PROGRAM)
  list(APPEND configure_args "-DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}")
endif()
if(C_COMPILER)
  list(APPEND configure_args "-DCMAKE_C_COMPILER=${C_COMPILER}")
endif()
if(CXX_COMPILER)
  list(APPEND configure_args "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}")
endif()

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
  set(rc "${rc}" PARENT_SCOPE)
endfunction()

function(expect_success what)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
endfunction()

function(build_and_check)
  run(build "${CMAKE_COMMAND}" --build "${build_dir}" --target nimbrel_image_check)
  expect_success("building the checker")
  run(check "${build_dir}/tests/nimbrel_image_check" "${image_dir}")
  expect_success("checking the embedded images")
  set(out "${out}" PARENT_SCOPE)
endfunction()

run(configure "${CMAKE_COMMAND}" ${configure_args})
expect_success("configuring")
set(description "images from ${image_dir}; generated default records TXDEFAULTSYSTEMSETTING")
string(FIND "${out}" "-- Image store: ${description}\n" at)
if(at LESS 0)
  message(FATAL_ERROR "configure did not report the embedded store:\n${out}")
endif()

build_and_check()
if(NOT out STREQUAL "${description}\n")
  message(FATAL_ERROR "unexpected checker output:\n${out}")
endif()

# A changed file is embedded by the next build, without configuring again.
file(WRITE "${image_dir}/FPGARBFDATA2" "${binary}fpga 2, second edition")
build_and_check()

# A folder that lacks one of the shipped images is refused at configure time.
file(REMOVE "${image_dir}/SOLUTIONDATA")
run(reconfigure "${CMAKE_COMMAND}" ${configure_args})
# CMake wraps long messages, so the words may sit on separate lines.
string(REGEX REPLACE "[ \t\r\n]+" " " err_words "${err}")
if(rc EQUAL 0 OR NOT err_words MATCHES "holds no image SOLUTIONDATA")
  message(FATAL_ERROR "a folder without SOLUTIONDATA was accepted:\n${out}\n${err}")
endif()

file(REMOVE_RECURSE "${WORK_DIR}")
