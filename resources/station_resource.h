// Resource ids shared by PelorinStation.rc and the board's code.
#pragma once

#define IDR_STATION_ICON 128
#define IDD_START_FORM 200

// Controls of the start form.
#define IDC_SF_IMAGE 2001
#define IDC_SF_CHOOSE 2002
#define IDC_SF_PROGRESS 2003
#define IDC_SF_SIZE 2004
#define IDC_SF_SUM 2005
#define IDC_SF_SHA 2006
#define IDC_SF_EXPECTED 2007
#define IDC_SF_LOG 2008
#define IDC_SF_LOG_CHOOSE 2009
#define IDC_SF_PORTS 2010
#define IDC_SF_MAX 2011
#define IDC_SF_REFLASH 2012
// The start form's labels (their texts are set in the board's language).
#define IDC_SF_IMAGE_LABEL 2013
#define IDC_SF_SIZE_LABEL 2014
#define IDC_SF_SUM_LABEL 2015
#define IDC_SF_EXPECTED_LABEL 2016
#define IDC_SF_LOG_LABEL 2017
#define IDC_SF_PORTS_LABEL 2018
#define IDC_SF_PORTS_HINT 2019
#define IDC_SF_MAX_LABEL 2020
#define IDC_SF_MAX_RANGE 2021
#define IDC_SF_DATABASE 2022
#define IDC_SF_DATABASE_LABEL 2023
#define IDC_SF_DATABASE_HINT 2024

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
