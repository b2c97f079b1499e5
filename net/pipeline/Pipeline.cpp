#include "net/pipeline/Pipeline.h"

namespace pipeline {

std::shared_ptr<DataRequest> request(const URLConvertible& url, HTTPMethod method,
                                     const std::optional<Parameters>& parameters, const ParameterEncoding& encoding,
                                     const std::optional<HTTPHeaders>& headers) {
  return SessionManager::default_()->request(url, method, parameters, encoding, headers);
}

std::shared_ptr<DataRequest> request(const URLRequestConvertible& urlRequest) {
  return SessionManager::default_()->request(urlRequest);
}

std::shared_ptr<DownloadRequest> download(const URLConvertible& url, HTTPMethod method,
                                          const std::optional<Parameters>& parameters,
                                          const ParameterEncoding& encoding, const std::optional<HTTPHeaders>& headers,
                                          DownloadDestination destination) {
  return SessionManager::default_()->download(url, method, parameters, encoding, headers, std::move(destination));
}

std::shared_ptr<DownloadRequest> download(const URLRequestConvertible& urlRequest, DownloadDestination destination) {
  return SessionManager::default_()->download(urlRequest, std::move(destination));
}

std::shared_ptr<DownloadRequest> download(const foundation::Data& resumeData, DownloadDestination destination) {
  return SessionManager::default_()->download(resumeData, std::move(destination));
}

std::shared_ptr<UploadRequest> upload(const net::URL& fileURL, const URLConvertible& url, HTTPMethod method,
                                      const std::optional<HTTPHeaders>& headers) {
  return SessionManager::default_()->upload(fileURL, url, method, headers);
}

std::shared_ptr<UploadRequest> upload(const net::URL& fileURL, const URLRequestConvertible& urlRequest) {
  return SessionManager::default_()->upload(fileURL, urlRequest);
}

std::shared_ptr<UploadRequest> upload(const foundation::Data& data, const URLConvertible& url, HTTPMethod method,
                                      const std::optional<HTTPHeaders>& headers) {
  return SessionManager::default_()->upload(data, url, method, headers);
}

std::shared_ptr<UploadRequest> upload(const foundation::Data& data, const URLRequestConvertible& urlRequest) {
  return SessionManager::default_()->upload(data, urlRequest);
}

std::shared_ptr<UploadRequest> upload(const std::shared_ptr<net::InputStream>& stream, const URLConvertible& url,
                                      HTTPMethod method, const std::optional<HTTPHeaders>& headers) {
  return SessionManager::default_()->upload(stream, url, method, headers);
}

std::shared_ptr<UploadRequest> upload(const std::shared_ptr<net::InputStream>& stream,
                                      const URLRequestConvertible& urlRequest) {
  return SessionManager::default_()->upload(stream, urlRequest);
}

void upload(SessionManager::MultipartFormDataBuilder multipartFormData, std::uint64_t encodingMemoryThreshold,
            const URLConvertible& url, HTTPMethod method, const std::optional<HTTPHeaders>& headers,
            SessionManager::EncodingCompletion encodingCompletion) {
  SessionManager::default_()->upload(std::move(multipartFormData), encodingMemoryThreshold, url, method, headers,
                                     nullptr, std::move(encodingCompletion));
}

void upload(SessionManager::MultipartFormDataBuilder multipartFormData, std::uint64_t encodingMemoryThreshold,
            const URLRequestConvertible& urlRequest, SessionManager::EncodingCompletion encodingCompletion) {
  SessionManager::default_()->upload(std::move(multipartFormData), encodingMemoryThreshold, urlRequest, nullptr,
                                     std::move(encodingCompletion));
}

std::shared_ptr<StreamRequest> stream(const std::string& hostName, int port) {
  return SessionManager::default_()->stream(hostName, port);
}

}  // namespace pipeline
