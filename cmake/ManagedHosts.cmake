# The two host names the tool manages are constants of the build. Each must
# be a plain host name, and "127.0.0.1", a tab and the name must fit in the
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
  string(LENGTH "127.0.0.1\t${name}" line_length)
  if(line_length GREATER 255)
    message(FATAL_ERROR
            "${variable} is too long: its hosts line would be ${line_length} characters, over 255")
  endif()
endfunction()

hosts_check_host_name(HOSTS_LOCAL_ALIAS_HOST)
hosts_check_host_name(HOSTS_SERVICE_CLIENT_HOST)
