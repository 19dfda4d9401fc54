#pragma once

// The Utils unit: HTTP request layer, data formats, service core and the sign-in window registry.
#include "Nimbo/Connection/AuthUI.h"
#include "Nimbo/Connection/DateFormats.h"
#include "Nimbo/Connection/Http.h"
#include "Nimbo/Connection/HttpTransport.h"
#include "Nimbo/Connection/Json.h"
#include "Nimbo/Connection/MimeTypes.h"
#include "Nimbo/Connection/RestService.h"
#include "Nimbo/Connection/platform/DateTime.h"
#include "Nimbo/Connection/platform/Exceptions.h"
