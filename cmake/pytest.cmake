# MOLAN_PYTEST: the first Python with pytest, for the end-to-end tests; the
# system's has it where another comes first on PATH.
find_package(Python3 COMPONENTS Interpreter)
foreach(python IN ITEMS ${Python3_EXECUTABLE} /usr/bin/python3)
    execute_process(COMMAND ${python} -c "import pytest" RESULT_VARIABLE no_pytest OUTPUT_QUIET ERROR_QUIET)
    if(no_pytest EQUAL 0)
        set(MOLAN_PYTEST ${python})
        break()
    endif()
endforeach()
