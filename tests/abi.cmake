# The binary interface of libamirtupt.so: exported names and the public
# header compiled as C11.
add_test(NAME abi.exported_symbols
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/abi/check_exports.sh $<TARGET_FILE:amirtupt>
                 ${AMIRTUPT_EXPORTS_FILE} ${PROJECT_SOURCE_DIR}/include/amirtupt.h)

add_executable(c_header_test abi/c_header.c)
target_link_libraries(c_header_test PRIVATE amirtupt)
set_target_properties(c_header_test PROPERTIES C_STANDARD 11 C_EXTENSIONS OFF)
target_compile_options(c_header_test PRIVATE -pedantic)
add_test(NAME abi.c_header COMMAND ${ORV_ISOLATED_LAUNCHER} $<TARGET_FILE:c_header_test>)
