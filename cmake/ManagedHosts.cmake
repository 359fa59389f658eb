# The two host names the tool manages are constants of the build. Each must
# be a DNS name of ASCII letters, digits, '-' and '.', and "127.0.0.1", a tab and the name must fit in the
# 255 characters of a formatted line.

set(HOSTS_LOCAL_ALIAS_HOST "vpn.localhost" CACHE STRING "The client's local alias host name")
set(HOSTS_SERVICE_CLIENT_HOST "client.vpn.example" CACHE STRING
    "The service's host name that is redirected to this machine")

function(hosts_check_host_name variable)
  set(name "${${variable}}")
  if(name STREQUAL "")
    message(FATAL_ERROR "${variable} is empty: give the host name to manage")
  endif()
  if(NOT name MATCHES "^[A-Za-z0-9.-]+$")
    message(FATAL_ERROR "${variable}='${name}' may hold only ASCII letters, digits, '-' and '.'")
  endif()
  # A DNS name: labels between the dots (an empty one included, as in "a..b"
  # or a trailing dot) of 1 to 63 characters, none beginning or ending with '-'.
  string(REPLACE "." ";" labels "${name}")
  foreach(label IN LISTS labels)
    string(LENGTH "${label}" label_length)
    if(label_length GREATER 63 OR NOT label MATCHES "^[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?$")
      # The leading space keeps CMake from wrapping the message: one line.
      message(FATAL_ERROR " ${variable}='${name}' is not a DNS name: each label between the dots "
                          "must be 1 to 63 letters, digits or '-', not beginning or ending with '-'")
    endif()
  endforeach()
  string(LENGTH "127.0.0.1\t${name}" line_length)
  if(line_length GREATER 255)
    message(FATAL_ERROR
            "${variable} is too long: its hosts line would be ${line_length} characters, over 255")
  endif()
endfunction()

hosts_check_host_name(HOSTS_LOCAL_ALIAS_HOST)
hosts_check_host_name(HOSTS_SERVICE_CLIENT_HOST)
