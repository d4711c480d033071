# Checks the dynamic symbol table of the shared library: every exported
# symbol belongs to the public classes, and the public surface is complete.
# Usage: cmake -DNM=<nm> -DLIBRARY=<libondira.so> -P CheckExportedSymbols.cmake

execute_process(COMMAND ${NM} -D --defined-only -C ${LIBRARY}
    OUTPUT_VARIABLE listing RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()

string(REPLACE "\n" ";" lines "${listing}")
set(symbols "")
set(unexpected "")
foreach(line IN LISTS lines)
    # "<address> <type> <name>[@@VERSION]"
    if(NOT line MATCHES "^[0-9a-fA-F]+ [A-Za-z] (.+)$")
        continue()
    endif()
    set(name "${CMAKE_MATCH_1}")
    string(REGEX REPLACE "@@?[A-Za-z0-9_.]+$" "" name "${name}")
    if(name MATCHES "^ONDIRA_[0-9]+$")
        continue() # the version node itself
    endif()
    list(APPEND symbols "${name}")
    if(NOT name MATCHES "^(Ondira|OndiraData|StatusData|Property|PData)::"
       AND NOT name MATCHES "^(typeinfo for|typeinfo name for|vtable for) (Ondira|PData)$")
        list(APPEND unexpected "${name}")
    endif()
endforeach()

if(unexpected)
    list(JOIN unexpected "\n  " text)
    message(FATAL_ERROR "Symbols outside the public classes are exported:\n  ${text}")
endif()

set(required
    "Ondira::Ondira()"
    "Ondira::Ondira(char const*)"
    "Ondira::~Ondira()"
    "Ondira::openDevice()"
    "Ondira::closeDevice()"
    "Ondira::startStreaming()"
    "Ondira::stopStreaming()"
    "Ondira::ping()"
    "Ondira::setProperty(Property const&)"
    "Ondira::getProperty(char const*)"
    "Ondira::getDataConsumer(int)"
    "Ondira::getDataProducer(int)"
    "Ondira::registerConsumer(int, IDataConsumer&)"
    "Ondira::deregisterConsumer(int, IDataConsumer const&)"
    "Ondira::STR_PROPERTY_USB_FIRMWARE_VERSION"
    "Ondira::STR_PROPERTY_ONDIRA_FIRMWARE_VERSION"
    "Ondira::STR_PROPERTY_USB_TRANSMISSION_CHANNEL"
    "Ondira::STR_PROPERTY_ONDIRA_TRANSMISSION_CHANNEL"
    "Ondira::STR_PROPERTY_ENABLE_CHANNEL_1"
    "Ondira::STR_PROPERTY_ENABLE_CHANNEL_2"
    "Ondira::STR_PROPERTY_ENABLE_CHANNEL_3"
    "Ondira::STR_PROPERTY_ENABLE_CHANNEL_4"
    "vtable for Ondira"
    "OndiraData::OndiraData(int, int, int, int, OndiraData::flagValue, unsigned char, long long)"
    "OndiraData::getChannel1() const"
    "OndiraData::getChannel4() const"
    "OndiraData::setChannel1(double)"
    "OndiraData::setChannel4(double)"
    "OndiraData::getDataFromChannel(unsigned char) const"
    "OndiraData::setDataToChannel(double, unsigned char)"
    "OndiraData::getFlag() const"
    "OndiraData::getOffsetChangeIndex() const"
    "OndiraData::getTimestamp() const"
    "StatusData::StatusData(StatusData::statusCode)"
    "StatusData::getCode() const"
    "StatusData::getString() const"
    "StatusData::getStringFromCode(StatusData::statusCode)"
    "StatusData::getTypeFromCode(StatusData::statusCode)"
    "StatusData::strStatus"
    "StatusData::strType"
    "Property::Property(char const*, char const*)"
    "Property::Property(char const*, float)"
    "Property::Property(char const*, int)"
    "Property::setValue(char const*)"
    "Property::setValue(float)"
    "Property::setValue(int)"
    "Property::getName() const"
    "Property::getValueAsString() const"
    "Property::getValueAsInteger() const"
    "Property::getValueAsFloat() const"
    "PData::~PData()"
    "vtable for PData")
set(missing "")
foreach(name IN LISTS required)
    list(FIND symbols "${name}" index)
    if(index EQUAL -1)
        list(APPEND missing "${name}")
    endif()
endforeach()
if(missing)
    list(JOIN missing "\n  " text)
    message(FATAL_ERROR "Public symbols missing from the dynamic symbol table:\n  ${text}")
endif()

list(LENGTH symbols count)
message(STATUS "${count} exported symbols, all of the public classes")
